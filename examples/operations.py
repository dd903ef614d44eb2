"""A walk through queltcore's operations: a product, a least-squares fit, a view updated in place."""
import queltcore as q


def section(title):
    print()
    print("== " + title)


section("y := 2 A x + y")
A = q.matd(2, 3)
for i in range(2):
    for j in range(3):
        A[i, j] = i + j
x = q.vecd(3)
for j in range(3):
    x[j] = 1.0
y = q.vecd(2)
y[0], y[1] = 100.0, 200.0
print("gemv hands back y itself:", q.gemv(2.0, 1.0, A, x, y) is y)
print(repr(y), end="")

section("fitting a line c0 + c1 t through four points")
ts, values = [0.0, 1.0, 2.0, 3.0], [1.1, 2.9, 5.2, 6.8]
design = q.matd(len(ts), 2)
b = q.vecd(len(ts))
for i, (t, value) in enumerate(zip(ts, values)):
    design[i, 0], design[i, 1], b[i] = 1.0, t, value
q.ls(design, b)  # design now holds its QR factorisation
print("c0 = %.4f, c1 = %.4f" % (b[0], b[1]))

section("scaling a stretch of a vector through a view")
v = q.vecs(6)
for i in range(6):
    v[i] = i
middle = v[2:4]
q.scale(10.0, middle)
print("v =", [v[i] for i in range(6)])

section("refusals leave the operands as they were")
try:
    q.matvec(A, q.vecd(4), y)
except RuntimeError as error:
    print("RuntimeError:", error)
print("y still holds", y[0], "and", y[1])
try:
    q.copy(q.vecs(3), middle)
except RuntimeError as error:
    print("RuntimeError:", error)
