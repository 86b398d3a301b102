import os
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

__version__: str
PITCH_DTYPE: np.dtype

_Path = Union[str, os.PathLike[str]]

def track_pitch(
    samples: npt.ArrayLike,
    rate: int,
    buffer_size: Optional[int] = ...,
    amplitude_threshold: float = ...,
    noise_threshold: float = ...,
) -> np.ndarray: ...

class Conversation:
    events: list[dict[str, Any]]
    utterances: list[dict[str, Any]]
    floor: list[dict[str, Any]]
    transfer_offsets: list[float]
    duration_ms: float
    speakers: list[str]
    def summary(self) -> str: ...
    def to_textgrid(self, path: _Path) -> None: ...
    def to_rttm(self, path: _Path, file_id: Optional[str] = ...) -> None: ...
    def to_csv(self, path: _Path) -> None: ...
    def to_pandas(self) -> Any: ...

def analyze(
    path_or_array: Union[_Path, Sequence[_Path], npt.ArrayLike],
    rate: Optional[int] = ...,
    params: Optional[Mapping[str, Any]] = ...,
    config: Optional[_Path] = ...,
    conditioning: bool = ...,
    raw: bool = ...,
) -> Conversation: ...
