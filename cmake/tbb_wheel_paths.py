"""Print where PyPI's oneTBB distributions keep what a bundling build needs.

Run by cmake/OneTBB.cmake with the interpreter the build is for. The
distributions are looked up through their installed file lists, so this works
for a venv, a --user or --prefix install and pip's isolated build environment
alike. Prints one ``key=value`` line each:

    version           tbb-devel's version
    config_dir        the folder holding TBBConfig.cmake (tbb-devel)
    license           the licence of the binary library (tbb's LICENSE.txt)
    third_party       Intel's list of third-party components (tbb's
                      third-party-programs.txt)

Exits with status 1 and a message on standard error when tbb-devel, its tbb
distribution or one of those files is missing.
"""

import sys
from importlib import metadata
from pathlib import Path


def locate(dist: metadata.Distribution, name: str) -> Path:
    for path in dist.files or ():
        if path.name == name:
            return Path(dist.locate_file(path)).resolve()
    sys.exit(f"{name} is not among the files of {dist.metadata['Name']} {dist.version}")


def main() -> None:
    try:
        devel = metadata.distribution("tbb-devel")
        runtime = metadata.distribution("tbb")
    except metadata.PackageNotFoundError as missing:
        sys.exit(f"the Python distribution '{missing.name}' is not installed for {sys.executable}")
    config = locate(devel, "TBBConfig.cmake")
    print(f"version={devel.version}")
    print(f"config_dir={config.parent}")
    print(f"license={locate(runtime, 'LICENSE.txt')}")
    print(f"third_party={locate(runtime, 'third-party-programs.txt')}")


if __name__ == "__main__":
    main()
