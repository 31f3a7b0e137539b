"""spacy.util.is_package: is a pipeline package installed?"""

from spacy import _installed


def is_package(name):
    return _installed(name)
