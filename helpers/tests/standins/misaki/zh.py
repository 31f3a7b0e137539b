"""Stand-in for misaki.zh: fails like the real one without misaki[zh]."""

from _standin import installed, record

if not installed("misaki[zh]"):
    raise ImportError("No module named 'jieba'")

record("misaki_import", module="misaki.zh")
