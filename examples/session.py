"""Running a model with quelt.Session: a dynamic batch dimension and an int64 scalar input."""
import array
import os

import quelt

# Written by tests/models/make_session_models.py: scaled = rows * factor, shape = shape(rows).
MODEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "models", "session", "scale_rows.onnx")

session = quelt.Session(MODEL)
print("== what the model takes and gives")
for info in session.inputs + session.outputs:
    print("  ", info)

print()
print("== a batch of two rows from nested lists, the factor as a Python int")
out = session.run({"rows": [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], "factor": 10})
for name, result in out.items():
    print("   %-6s %r" % (name, result))
print("   scaled as lists:", out["scaled"].tolist())

print()
print("== a batch of four rows from an array, bound without a copy; only 'scaled' asked for")
data = array.array("f", range(12))
rows = memoryview(data).cast("B").cast("f", (4, 3))
scaled = session.run({"rows": rows, "factor": -1}, outputs=["scaled"])["scaled"]
view = memoryview(scaled)  # the result's own memory, no copy
print("   shape %s, format %r, row 3: %s" % (view.shape, view.format, view.tolist()[3]))

print()
print("== errors name the input and say what was expected")
for feeds in ({"rows": [[1.0, 2.0]], "factor": 2},
              {"rows": array.array("d", [1, 2, 3]), "factor": 2},
              {"rows": [[1.0, 2.0, 3.0]], "factor": 2.5},
              {"rows": [[1.0, 2.0, 3.0]], "factor": 2 ** 64},
              {"rows": [[1.0, 2.0, 3.0]]}):
    try:
        session.run(feeds)
    except (TypeError, ValueError) as error:
        print("   %s: %s" % (type(error).__name__, error))
