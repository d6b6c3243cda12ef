# Build script of the Python wheel that carries the Linux library (packaging/make-wheel.sh copies it into
# the staged package): the wheel holds a native library, so it is a platform wheel (py3-none-<platform>,
# not pure Python); the code itself runs on any Python 3.
from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class NativeDistribution(Distribution):
    def has_ext_modules(self):
        return True  # the package's files go to the wheel's root, marked not pure


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


setup(distclass=NativeDistribution, cmdclass={"bdist_wheel": PlatformWheel})
