"""corvane: coherent twin boundaries, hardness, elasticity and ideal strength of superhard crystals."""

__version__ = "0.1.0"
