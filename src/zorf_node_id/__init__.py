"""zorf-node-id: the node identifier of zorf_lib on the command line, for
shell scripts, boot units, container entry points and scheduler prologs.

It uses only the public `zorf_lib.get_gpu_node_id`; `main` is the console
script's entry point, also run by `python -P -m zorf_node_id`.
"""

from zorf_node_id.command import main

__all__ = ["main"]
