"""Calibration-aware placement and routing of QCIS programs: the minimal platform layer."""
