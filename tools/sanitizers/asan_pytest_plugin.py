"""pytest plugin for the AddressSanitizer run of the Python suite.

Loaded by scripts/test-sanitizers.sh (``-p asan_pytest_plugin``). A few tests
cannot work under AddressSanitizer because of how the sanitizer itself manages
memory, whatever our code does; they are skipped there, each with its reason.
Everything else runs. (Tests that know this about themselves skip on their
own, through test_leaks.address_sanitizer_loaded.) An entry whose test no
longer exists fails the run, so that the list cannot silently go stale.
"""

import pytest

# Test id -> why it cannot run under AddressSanitizer.
SKIPPED_UNDER_ASAN = {
    "tests/python/test_hostile_input.py::test_many_groups_without_columns[1099511627776]": (
        "needs a failing C++ allocation to throw std::bad_alloc; AddressSanitizer's "
        "operator new ends the process with an out-of-memory report instead "
        "(allocator_may_return_null only covers malloc)"
    ),
    "tests/python/test_engine_module.py::test_fork_while_another_thread_merges[_native]": (
        "forks while another thread merges; GCC 12's AddressSanitizer does not lock its "
        "allocator around fork(), so a child forked while that thread is inside malloc "
        "waits for ever on the allocator's lock"
    ),
    "tests/python/test_engine_module.py::test_fork_while_another_thread_merges[_engine]": (
        "forks while another thread merges; GCC 12's AddressSanitizer does not lock its "
        "allocator around fork(), so a child forked while that thread is inside malloc "
        "waits for ever on the allocator's lock"
    ),
    "tests/python/test_processes.py::test_fork_while_another_thread_calls": (
        "forks while another thread makes calls; GCC 12's AddressSanitizer does not lock "
        "its allocator around fork(), so a child forked while that thread is inside malloc "
        "waits for ever on the allocator's lock"
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
