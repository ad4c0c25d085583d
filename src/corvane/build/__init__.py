"""Structure builders: twin boundaries and polycrystals."""
