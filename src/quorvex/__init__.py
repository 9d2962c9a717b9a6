"""quorvex: a quantum-computing toolkit; this package holds its compiled core."""
