"""The quillmap module against a live daemon: Client changes, Reader values, a seeded model against a dict."""

import os
import random
import time

import pytest

import quillmap


@pytest.fixture
def client(daemon):
    c = quillmap.Client(config=daemon.config_path)
    c.clear()
    return c


@pytest.fixture
def reader(daemon):
    with quillmap.Reader(daemon.data_path) as r:
        yield r


def test_requests_answers_and_refusals(client, reader, daemon, monkeypatch, tmp_path):
    assert client.add("café", "thé") is True
    assert reader.get("café".encode()) == "thé".encode()
    client.set(b"k", b"v", ttl=60)
    entry = next(e for e in reader.entries() if e.key == b"k")
    assert entry.value == b"v" and entry.is_address is False
    assert time.time() + 50 < entry.expires <= time.time() + 61
    assert client.exists("k") and not client.exists("absent")
    assert client.delete("k") is True and client.delete("k") is False and reader.get("k") is None
    assert client.add("10.0.0.0/8", "net", ip=True) and client.exists("10.1.2.3", ip=True)
    assert reader.match("10.1.2.3") == (b"10.0.0.0/8", b"net", 0, True)
    info, digest = client.info(), client.hash()
    assert info["bytes_total"] == 4194304 and info["bytes_used"] > 0 and len(digest) == 40
    client.set("café", "changed")
    assert client.hash() == digest  # the digest covers keys only
    assert quillmap.Reader(config=daemon.config_path).get("café") == b"changed"
    monkeypatch.chdir(daemon.dir)  # a relative path names a file there, not in the daemon's "/"
    client.dump("copy.yaml")
    assert os.path.exists(os.path.join(daemon.dir, "copy.yaml"))
    client.clear()
    client.load("./copy.yaml")
    assert reader.get("café") == b"changed"
    refusals = [(lambda bad=bad: client.add(bad, "v"), kind, "key") for bad, kind in
                [("caf\udce9", ValueError), (b"caf\xe9", ValueError), ("a\0b", ValueError), (5, TypeError)]] + [
        (lambda: client.exists("not-an-address", ip=True), ValueError, "address key 'not-an-address' does not parse"),
        (lambda: quillmap.Reader(daemon.data_path).get(b"\xff"), ValueError, "is not valid UTF-8"),
        (lambda: client.load("/etc/passwd"), quillmap.Error, "the daemon refused the path"),
        (lambda: quillmap.Client(str(tmp_path / "no.sock")).info(), quillmap.NotRunningError, "cannot connect to"),
        (lambda: quillmap.Reader(str(tmp_path / "missing.yaml")), quillmap.Error, "data path does not exist")]
    for call, kind, text in refusals:
        with pytest.raises(kind, match=text) as caught:
            call()
    assert caught.value.code < 0  # the last row's: a reader's error carries its negative status


def test_batch_and_read_sections(client, reader):
    batch = client.batch().add("a", "3").add("b", "2").exists("c").info().hash()
    assert len(batch) == 5
    answer = batch.send()
    assert answer["success"] and answer["info"]["pages_total"] > 0 and len(answer["hashsum"]) == 40
    with client.batch() as b:
        b.add("::/0", "all", ip=True).delete("b")
    assert b.result["affected"] == 2
    with reader.section() as s:
        assert s.get("a") == b"3" and s.get("b") is None
        assert s.match("2001:db8::1").key == b"::/0"
        assert s.validate()
        with pytest.raises(quillmap.Error, match="a read section of this reader is open"):
            reader.close()  # the section's share lives in the reader's handle
    with pytest.raises(quillmap.Error, match="not entered"):
        s.get("a")
    assert [e and e.value for e in reader.match_many(["::1", "10.0.0.1"])] == [b"all", None]


def test_model_of_random_changes(client, reader):
    """Random batches of adds, sets and deletes against a dict: each count, then all the reader shows."""
    seed = int(os.environ.get("QUILLMAP_SEED", "15"))
    rng, model = random.Random(seed), {}
    keys = [f"k{i}" for i in range(20)] + ["é", "日本"] + [f"10.{i}.0.0/16" for i in range(6)]
    for step in range(60):
        batch, affected = client.batch(), 0
        for _ in range(rng.randint(1, 8)):
            key = rng.choice(keys)
            ip = key.startswith("10.")
            value, op = rng.choice(["", "x", "ü" * rng.randint(1, 40)]), rng.choice(["add", "set", "delete"])
            if op == "delete":
                batch.delete(key, ip=ip)
                affected += model.pop(key, None) is not None
            else:  # add does not replace
                getattr(batch, op)(key, value, ip=ip)
                affected += op == "set" or key not in model
                model[key] = value if op == "set" else model.get(key, value)
        where = f"seed {seed} step {step} (replay with QUILLMAP_SEED={seed})"
        assert batch.send()["affected"] == affected, where
        assert {e.key.decode(): e.value.decode() for e in reader.entries()} == model, where
        assert reader.get_many(keys) == [model[k].encode() if k in model else None for k in keys], where
        hits = [reader.match(f"10.{i}.7.7") for i in range(7)]
        assert [h and h.key.decode() for h in hits] == [k if k in model else None for k in keys[22:]] + [None], where
