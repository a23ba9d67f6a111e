"""`python -m pytarn_cli`: the same as the `pytarn` console script."""

from . import main

raise SystemExit(main())
