"""Stand-in for misaki: the English part comes with kokoro; the Japanese and
Mandarin parts import only once pip (the stand-in) has installed misaki[ja] or
misaki[zh], as their real dependencies are otherwise absent."""
