"""``python -m epson_remote``: the ``epson-remote`` command-line tool."""

from .cli import console_main

if __name__ == "__main__":
    console_main()
