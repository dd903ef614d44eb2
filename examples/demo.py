"""A walk through queltcore's containers: vectors, views that share storage, matrices."""
import queltcore as q

LETTERS = "sdcz"


def section(title):
    print()
    print("== " + title)


for letter in LETTERS:
    vec = getattr(q, "vec" + letter)
    mat = getattr(q, "mat" + letter)
    complex_type = letter in "cz"

    section("element type " + letter)
    v = vec(6)
    for i in range(v.numel()):
        v[i] = complex(i, -i) if complex_type else i * 0.5
    print("a vector of", v.numel(), "elements; v[3] =", v[3])
    print(repr(v), end="")

    w = v[2:5]
    w[0] = complex(100, 1) if complex_type else 100
    print("the view v[2:5] has", w.numel(), "elements; writing w[0] changes v[2] to", v[2])
    print(repr(w), end="")

    m = mat(2, 5)
    for i in range(2):
        for j in range(5):
            m[i, j] = complex(i, j) if complex_type else 10 * i + j
    print("a matrix of", m.dim(0), "rows and", m.dim(1), "columns; m[1, 4] =", m[1, 4])
    print(repr(m), end="")

section("a view outlives its vector")
v = q.vecd(4)
v[3] = 42.0
tail = v[1:]
del v
print("tail[2] =", tail[2])

section("errors name the problem")
for attempt in (lambda: q.vecs(3)[3], lambda: q.matd(2, 3)[0, 3], lambda: q.vecs(10)[::2]):
    try:
        attempt()
    except RuntimeError as error:
        print("RuntimeError:", error)
