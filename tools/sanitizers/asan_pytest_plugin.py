"""pytest plugin for the AddressSanitizer run of the Python suite.

Loaded by scripts/test-sanitizers.sh (``-p asan_pytest_plugin``). A few tests
cannot work under AddressSanitizer because of how the sanitizer itself manages
memory, whatever our code does; they are skipped there, each with its reason.
Everything else runs. An entry whose test no longer exists fails the run, so
that the list cannot silently go stale.
"""

import pytest

# Test id -> why it cannot run under AddressSanitizer.
SKIPPED_UNDER_ASAN = {
    "tests/python/test_hostile_input.py::test_many_groups_without_columns[1099511627776]": (
        "needs a failing C++ allocation to throw std::bad_alloc; AddressSanitizer's "
        "operator new ends the process with an out-of-memory report instead "
        "(allocator_may_return_null only covers malloc)"
    ),
    "tests/python/test_hostile_input.py::test_result_too_big_under_address_space_limit": (
        "runs a child under a 2 GiB RLIMIT_AS; AddressSanitizer's shadow memory alone "
        "needs terabytes of address space, so the child cannot start"
    ),
    "tests/python/test_leaks.py::test_result_buffer_freed_with_its_owner": (
        "measures resident memory; under AddressSanitizer freed blocks stay resident in "
        "its quarantine and are released in batches, so resident memory does not follow "
        "the result buffer's life"
    ),
}


def pytest_collection_modifyitems(config, items):
    found = set()
    collected_files = set()
    for item in items:
        collected_files.add(item.nodeid.split("::", 1)[0])
        reason = SKIPPED_UNDER_ASAN.get(item.nodeid)
        if reason is not None:
            item.add_marker(pytest.mark.skip(reason=f"under AddressSanitizer: {reason}"))
            found.add(item.nodeid)
    stale = [
        test_id
        for test_id in SKIPPED_UNDER_ASAN
        if test_id not in found and test_id.split("::", 1)[0] in collected_files
    ]
    if stale:
        raise pytest.UsageError(
            "tools/sanitizers/asan_pytest_plugin.py lists tests that do not exist: " + ", ".join(stale)
        )
