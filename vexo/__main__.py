import sys

from vexo.cli import main

sys.exit(main())
