import sys

from geoweave_cli import main

sys.exit(main())
