"""Pieces of compare_peers: the board, the X server, the programs and the report."""
