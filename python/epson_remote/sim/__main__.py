"""``python -m epson_remote.sim``: the same as ``epson-remote sim`` (the controller simulator in
the foreground, until Ctrl-C or SIGTERM); ``--help`` lists the options."""

from ..cli.sim import main

if __name__ == "__main__":
    main()
