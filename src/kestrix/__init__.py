"""Kestrix: an embedded 1-bit quantised nearest-neighbour store for 384-dim embeddings."""

from ._kestrix import Kestrix

__all__ = ["Kestrix"]
