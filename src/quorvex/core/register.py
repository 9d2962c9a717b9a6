"""Named runs of consecutive qubits."""
import operator


class Register:
    """``size`` consecutive qubits of one circuit, named ``name``.

    The qubit numbers are fixed when the register is handed to a `Circuit`;
    ``r[i]`` is then qubit i of the register and ``r[:]`` all of them in order.
    """

    def __init__(self, name, size):
        if not isinstance(name, str):
            raise TypeError("Register name must be a str, got " + type(name).__name__ + ".")
        if isinstance(size, bool):
            raise TypeError("Register size must be an int, not bool.")
        try:
            size = operator.index(size)
        except TypeError:
            raise TypeError("Register size must be an int, got " + type(size).__name__ + ".") from None
        if size < 0:
            raise ValueError("Register size must be non-negative, got " + str(size) + ".")
        self.name = name
        self.size = size
        self._offset = None

    def _claim(self, offset):
        """Bind the register to the qubits offset .. offset + size - 1 of a new circuit."""
        if self._offset is not None:
            raise ValueError("Register '" + self.name + "' already belongs to a circuit.")
        self._offset = offset

    def _qubits(self):
        if self._offset is None:
            raise ValueError("Register '" + self.name + "' is not part of a circuit yet; "
                             "pass it to Circuit(...) first.")
        return range(self._offset, self._offset + self.size)

    def __len__(self):
        return self.size

    def __getitem__(self, index):
        qubits = self._qubits()
        if isinstance(index, slice):
            return list(qubits[index])
        if isinstance(index, bool):
            raise TypeError("Register indices must be integers, not bool.")
        try:
            return qubits[index]
        except IndexError:
            raise IndexError("Register '" + self.name + "' has " + str(self.size)
                             + " qubits; index " + str(index) + " is out of range.") from None

    def __iter__(self):
        return iter(self._qubits())

    def __repr__(self):
        return "Register(" + repr(self.name) + ", " + str(self.size) + ")"
