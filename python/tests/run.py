#!/usr/bin/env python3
"""Runs the Python package's tests the way a user installs it: a fresh
virtual environment, `pip install ./python` into it (nothing downloaded),
then every test in this folder with that environment's interpreter, from a
folder where the sources cannot be imported by accident.

    python3 python/tests/run.py --bin build/bin [--build build]

--bin is where quorvex and morva are; --build the CMake build tree the C++
example installs rticlient from.
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.dirname(HERE)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--build", default="")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="rticlient-venv-") as tmp:
        venv = os.path.join(tmp, "venv")
        subprocess.run([sys.executable, "-m", "venv", venv], check=True)
        python = os.path.join(venv, "bin", "python")
        subprocess.run(
            [python, "-m", "pip", "install", "--quiet", "--no-index", PACKAGE],
            check=True,
            cwd=tmp,
        )
        env = dict(os.environ, RTI_BIN_DIR=os.path.abspath(args.bin))
        if args.build:
            env["RTI_BUILD_DIR"] = os.path.abspath(args.build)
        env.pop("PYTHONPATH", None)
        done = subprocess.run(
            [python, "-W", "error::ResourceWarning", "-m", "unittest", "discover",
             "-s", HERE, "-t", HERE, "-v"],
            cwd=tmp,
            env=env,
            timeout=300,
        )
        return done.returncode


if __name__ == "__main__":
    sys.exit(main())
