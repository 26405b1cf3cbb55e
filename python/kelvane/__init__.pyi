from ._kelvane import Stream as Stream, __version__ as __version__, stretch as stretch

__all__ = ["stretch", "Stream", "__version__"]
