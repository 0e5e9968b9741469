import sys

from dirsieve.cli import main

sys.exit(main())
