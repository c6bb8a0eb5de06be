# The velmora package's own tests, run by tests/programs/python_test.cc with the built
# library preloaded and python/ on PYTHONPATH.
pytest_plugins = ["pytester"]
