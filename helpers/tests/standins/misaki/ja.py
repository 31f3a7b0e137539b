"""Stand-in for misaki.ja: fails like the real one without misaki[ja]."""

from _standin import installed, record

if not installed("misaki[ja]"):
    raise ImportError("No module named 'fugashi'")

record("misaki_import", module="misaki.ja")
