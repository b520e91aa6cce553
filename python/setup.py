"""The binding's build for pip: binding.cpp and python_values.cpp against the installed qm4720
development files (the public header and the static host library), which pkg-config names;
pybind11's headers from the system (Debian's pybind11-dev). PKG_CONFIG_PATH and
PKG_CONFIG_SYSROOT_DIR choose another install than the machine's, as for any pkg-config user."""
import shlex
import subprocess
import sys

from setuptools import Extension, setup


def pkg_config(*arguments):
    try:
        return subprocess.run(["pkg-config", *arguments, "qm4720"], check=True, text=True,
                              stdout=subprocess.PIPE).stdout.strip()
    except (OSError, subprocess.CalledProcessError) as failure:
        sys.exit(f"qm4720: pkg-config does not find the qm4720 development files ({failure}); "
                 "install the -dev package, or point PKG_CONFIG_PATH at an install of qm4720")


version = pkg_config("--modversion")
setup(
    version=version,
    ext_modules=[
        Extension(
            "qm4720",
            sources=["binding.cpp", "python_values.cpp"],
            language="c++",
            define_macros=[("QM_VERSION", f'"{version}"')],
            extra_compile_args=["-std=c++20", "-fvisibility=hidden",
                                *shlex.split(pkg_config("--cflags"))],
            extra_link_args=shlex.split(pkg_config("--libs")),
        )
    ],
)
