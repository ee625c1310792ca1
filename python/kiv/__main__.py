"""python3 -m kiv: the kiv command."""

import sys

from .cli import main

sys.exit(main())
