"""Kelvane: time-stretching and pitch-shifting of numpy arrays.

Speed and pitch change independently, with optional formant preservation and
reverse play. Audio is held as librosa holds it: a 1-D array is one channel,
a 2-D array is (channels, frames), up to 8 channels; float32 or float64 in,
float32 out.

    kelvane.stretch(audio, sample_rate, speed=0.5, pitch=3)   # a whole array
    kelvane.Stream(sample_rate, channels)                      # block by block
"""
from ._kelvane import Stream, __version__, stretch

__all__ = ["stretch", "Stream", "__version__"]
