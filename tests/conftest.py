import pytest
from support import LANG_HEADER, lang_library_path, load_library


@pytest.fixture(scope="session")
def lib():
    return load_library()


@pytest.fixture(scope="session")
def lang_lib():
    """The language's kernels (quorix_lang.h), loaded natively."""
    return load_library(lang_library_path(), LANG_HEADER)
