"""`python -P -m zorf_node_id`, for where no console script was installed (a
wheel unpacked onto PYTHONPATH)."""

from zorf_node_id.command import main

raise SystemExit(main())
