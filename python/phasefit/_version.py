"""The package's version, in a module of its own so that the modules that
write it into their files need not import the package that imports them."""

# The tool and this package are released together under one version.
__version__ = "0.1.0"
