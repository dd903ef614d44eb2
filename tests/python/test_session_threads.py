"""One session run from several threads at once while feeds and results are dropped."""
import array
import os
import random
import threading
import unittest

import quelt

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "session")
THREADS = 4
ROUNDS = 1000


class Concurrent(unittest.TestCase):
    def test_stress(self):
        session = quelt.Session(os.path.join(MODELS, "scale_rows.onnx"), threads=1)
        kept = []  # results that other threads drop
        lock = threading.Lock()
        failures = []

        def worker(seed):
            rng = random.Random(seed)
            try:
                for _ in range(ROUNDS):
                    batch = rng.randrange(1, 40)
                    factor = rng.randrange(-5, 6)
                    values = [float(rng.randrange(-100, 100)) for _ in range(3 * batch)]
                    kind = rng.randrange(3)
                    if kind == 0:
                        rows = memoryview(array.array("f", values)).cast("B").cast("f", (batch, 3))
                    elif kind == 1:
                        rows = quelt.tensor(values, dtype="float32", shape=(batch, 3))
                    else:
                        rows = [values[3 * b:3 * b + 3] for b in range(batch)]
                    out = session.run({"rows": rows, "factor": factor})
                    del rows
                    scaled = memoryview(out.pop("scaled"))
                    if scaled.tolist() != [[v * factor for v in values[3 * b:3 * b + 3]] for b in range(batch)]:
                        failures.append("wrong result for seed %d" % seed)
                    with lock:
                        kept.append(scaled)
                        if len(kept) > 8:
                            del kept[rng.randrange(len(kept))]
            except Exception as error:  # reported below, with the thread's seed
                failures.append("seed %d: %r" % (seed, error))

        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        self.assertFalse(any(thread.is_alive() for thread in threads), "a thread did not finish")
        self.assertEqual(failures, [])
        self.assertEqual(session.run({"rows": [[1.0, 2.0, 3.0]], "factor": 2})["scaled"].tolist(), [[2.0, 4.0, 6.0]])


if __name__ == "__main__":
    unittest.main()
