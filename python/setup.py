"""The wheel's tag. The package itself is pure Python; a wheel made with a copy of the
library inside kelvaro/ (scripts/wheel.sh) holds that library and is tagged for its
platform alone, py3-none-PLATFORM, where PLATFORM is bdist_wheel's --plat-name."""

import os

from setuptools import setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # building without wheel: no wheel to tag
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ("libKelvaro32.so", "Kelvaro32.dll")
CARRIES_LIBRARY = any(os.path.exists(os.path.join(HERE, "kelvaro", name)) for name in LIBRARIES)

commands = {}
if bdist_wheel is not None and CARRIES_LIBRARY:

    class PlatformWheel(bdist_wheel):
        """Any Python 3 and no particular ABI (the library is loaded with ctypes), one platform."""

        def finalize_options(self) -> None:
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            platform = self.plat_name.replace("-", "_").replace(".", "_")
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands)
