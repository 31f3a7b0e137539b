"""Stand-in for huggingface_hub.utils: the errors the hub raises."""

from huggingface_hub import EntryNotFoundError

__all__ = ["EntryNotFoundError", "LocalEntryNotFoundError"]


class LocalEntryNotFoundError(FileNotFoundError):
    """A file asked for with local_files_only=True that the cache does not have."""
