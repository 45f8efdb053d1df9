"""The package that holds the ini_main extension module."""
