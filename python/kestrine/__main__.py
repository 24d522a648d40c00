"""``python -m kestrine``: the command-line tool (see ``kestrine --help``)."""

import sys

from kestrine.cli import main

sys.exit(main())
