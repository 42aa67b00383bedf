"""The corpus of corpus.py gives the same holes here as on x86-64 with glibc,
where data/corpus.json was made: one digest per call, compared group by
group (generator and mode), every variance, table kind and seed."""

import json

import pytest

import corpus

STORED = json.loads(corpus.STORED.read_text())


def test_stored_digests_cover_the_corpus():
    assert sorted(STORED) == sorted(case[0] for case in corpus.cases())


@pytest.mark.parametrize("mode", corpus.MODES)
@pytest.mark.parametrize("generator", corpus.GENERATORS)
def test_corpus_matches_the_stored_digests(generator, mode):
    group = [case for case in corpus.cases() if case[1] == generator and case[2]["mode"] == mode]
    differing = [case[0] for case in group if corpus.run_case(case) != STORED[case[0]]]
    assert differing == []
