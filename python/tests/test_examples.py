"""The examples as a developer uses them: the C++ federate built against an
installed prefix (both install components, then find_package or
pkg-config), the Python one run with the installed package; each joins,
sends, receives its roll call and resigns on a real site."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from servers import WAIT, Site

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("RTI_BUILD_DIR", "")
STRICT = "-Wall -Wextra -Werror -Wshadow"


def run(args, **kw) -> str:  # type: ignore[no-untyped-def]
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120, **kw)
    out = done.stdout.decode("utf-8", "replace")
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {done.returncode}:\n{out}")
    return out


class Examples(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.site = Site("examples")

    @classmethod
    def tearDownClass(cls) -> None:
        cls.site.stop()

    def federate_args(self, name: str):  # type: ignore[no-untyped-def]
        return ["127.0.0.1", str(self.site.registry_port), "examples", name]

    def check_output(self, out: str) -> None:
        self.assertIn("joined examples as federate 1\n", out)
        self.assertRegex(out, r"roll call .*, joined:? \[?1\]?\n")
        self.assertTrue(out.endswith("resigned\n"), out)

    def test_python_federate(self) -> None:
        out = run([sys.executable, os.path.join(ROOT, "examples", "python", "federate.py")]
                  + self.federate_args("py"))
        self.check_output(out)
        self.assertIn("roll call 'roll call', joined: [1]\n", out)

    @unittest.skipUnless(BUILD, "RTI_BUILD_DIR names no build tree to install from")
    def test_cpp_federate_from_the_installed_prefix(self) -> None:
        tmp = tempfile.mkdtemp(prefix="rticlient-example-")
        self.addCleanup(shutil.rmtree, tmp, True)
        prefix = os.path.join(tmp, "prefix")
        for component in ("rticlient-runtime", "rticlient-dev"):
            run(["cmake", "--install", BUILD, "--prefix", prefix, "--component", component])

        # find_package(RTIClient), with the public headers held to our warnings.
        ex = os.path.join(tmp, "cmake-build")
        run(["cmake", "-S", os.path.join(ROOT, "examples", "cpp"), "-B", ex,
             f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_FLAGS={STRICT}"])
        run(["cmake", "--build", ex])
        out = run([os.path.join(ex, "federate")] + self.federate_args("cmake"))
        self.check_output(out)
        self.assertIn('roll call "hello from cmake", joined: 1\n', out)

        # pkg-config, linking the shared library found at run time by path.
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "rticlient"], env=env).split()
        binary = os.path.join(tmp, "federate-pc")
        run(["c++", "-std=c++17", *STRICT.split(),
             os.path.join(ROOT, "examples", "cpp", "federate.cpp"), "-o", binary, *flags])
        env["LD_LIBRARY_PATH"] = os.path.join(prefix, "lib")
        out = run([binary] + self.federate_args("pc"), env=env)
        self.check_output(out)
        needed = run(["objdump", "-p", binary])
        self.assertIn("librticlient.so.1", needed)


if __name__ == "__main__":
    unittest.main()
