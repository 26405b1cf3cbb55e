from types import TracebackType
from typing import Optional, Type

import numpy as np
import numpy.typing as npt

__version__: str

def stretch(
    audio: npt.ArrayLike,
    sample_rate: int,
    *,
    speed: float = 1.0,
    pitch: float = 0.0,
    preserve_formants: bool = False,
    formant: Optional[float] = None,
    quality: int = 1,
    reverse: bool = False,
) -> npt.NDArray[np.float32]:
    """Stretch and shift a whole signal; returns a new float32 array.

    audio: 1-D (frames) or 2-D (channels, frames), 1 to 8 channels, float32 or
    float64. speed: a factor, 0.25 to 4.0 (0.5: twice as long). pitch and
    formant: semitones, -24 to 24. The output has exactly len / speed frames and
    output sample i belongs at time i.
    """

class Stream:
    """Stretch and shift a signal block by block; usable as a context manager."""

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        quality: int = 1,
        *,
        speed: float = 1.0,
        pitch: float = 0.0,
        preserve_formants: bool = False,
        formant: Optional[float] = None,
    ) -> None: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def quality(self) -> int: ...
    @property
    def latency(self) -> int:
        """Input frames the stream takes before its first output frame."""
    @property
    def closed(self) -> bool: ...
    speed: float
    pitch: float
    formant: Optional[float]
    preserve_formants: bool
    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Feed one block; returns the output that is ready (possibly no frames)."""
    def flush(self) -> npt.NDArray[np.float32]:
        """Return the rest of the output, cut at the exact length; start afresh."""
    def reset(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Stream": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
