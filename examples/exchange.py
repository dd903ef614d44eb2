"""Data in and out of quelt without a Python loop over elements: a least-squares line fit.

Run: PYTHONPATH=build $(cat build/python-interpreter) examples/exchange.py
"""
import io
from array import array

import quelt

# The measurements arrive as arrays (from a file, a socket, another library...).
t = array("d", [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0])
y = array("d", [1.9, 2.6, 2.9, 3.6, 4.1, 4.4, 5.1, 5.4])
n = len(t)

# The design matrix of y = c0 + c1 t, row by row: (1, t_i). One repetition and one strided
# slice assignment build it; quelt.matrix copies the (n, 2) row-major buffer into a
# column-major matd in one call.
rows = array("d", [1.0]) * (2 * n)
memoryview(rows)[1::2] = t
A = quelt.matrix(memoryview(rows).cast("B").cast("d", (n, 2)))
b = quelt.vector(y)

# ls overwrites A with its QR factorisation and the first two elements of b with the
# coefficients; one BLAS thread is plenty for a problem this small.
with quelt.blas_threads(1):
    quelt.ls(A, b)

c0, c1 = quelt.tolist(b[0:2])
print("fit: y = %.6f + %.6f t" % (c0, c1))

# The rest of b holds the residuals in the QR basis; their sum of squares is one BLAS call.
rest = b[2:n]
print("residual sum of squares: %.6f" % quelt.dot(rest, rest))

# The coefficients leave as raw bytes too, written to a stream straight from the vector's
# storage, and read back by anything that reads doubles.
stream = io.BytesIO()
stream.write(quelt.memory(b)[0:2])
back = array("d")
back.frombytes(stream.getvalue())
print("through a byte stream:", back.tolist())
