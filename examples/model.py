"""Running an ONNX model with queltcore: a small classifier, softmax(features W + b)."""
import math
import os
import sys

import queltcore as q

# The loader's lines go straight to the process's standard output, past sys.stdout: flushing
# every line keeps the two in order when the output is piped.
sys.stdout.reconfigure(line_buffering=True)

# Written by tests/models/make_models.py, with these weights.
MODEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "models", "classifier.onnx")
W = [[0.5, -0.5], [1.0, 0.0], [-1.0, 2.0]]
B = [0.1, -0.1]


def by_hand(features):
    scores = [sum(features[i] * W[i][c] for i in range(3)) + B[c] for c in range(2)]
    total = sum(math.exp(s) for s in scores)
    return [math.exp(s) / total for s in scores]


print("== loading classifier.onnx: the loader describes each input and output")
classifier = q.model(MODEL)

print()
print("== set the three features of input 0, run, get the two probabilities of output 0")
for features in ([1.0, 0.0, 0.0], [0.0, 0.0, 1.0], [0.5, 1.0, 0.25]):
    for j, value in enumerate(features):
        classifier.set(0, [0, j], value)
    classifier.run()
    probabilities = [classifier.get(0, [0, c]) for c in range(2)]
    print("features %-18s -> probabilities [%.6f, %.6f]   by hand [%.6f, %.6f]" % (
        features, *probabilities, *by_hand(features)))

print()
print("== errors name the problem")
for attempt in (lambda: classifier.get(0, [0, 2]),
                lambda: classifier.get(0, [0]),
                lambda: classifier.set(1, [0, 0], 1.0)):
    try:
        attempt()
    except RuntimeError as error:
        print("RuntimeError:", error)
