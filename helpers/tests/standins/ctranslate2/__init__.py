"""Stand-in for ctranslate2: only the GPU count, which follows STANDIN_WHISPER_GPU
("none", the default, means no GPU)."""

import os

__version__ = "0.0-standin"


def get_cuda_device_count():
    return 0 if os.environ.get("STANDIN_WHISPER_GPU", "none") == "none" else 1
