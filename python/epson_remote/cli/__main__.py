"""``python -m epson_remote.cli``: the ``epson-remote`` command-line tool."""

from . import console_main

if __name__ == "__main__":
    console_main()
