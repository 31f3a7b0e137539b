"""Stand-in for pip, run as `python -m pip install NAME...`.

Records its arguments ("pip" event) and marks each NAME installed in
STANDIN_SITE. STANDIN_PIP_FAIL makes it print that text as its last line and
exit with status 1, installing nothing.
"""
