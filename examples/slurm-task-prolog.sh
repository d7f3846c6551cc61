#!/bin/sh
# Slurm TaskProlog= (slurm.conf): every task of a job gets ZORF_NODE_ID in its
# environment. It runs as the job's user, so it reads the cache that the boot
# unit wrote (a hit: NVML is not touched, whatever the job does to the GPUs).
# Slurm takes each line printed here as a directive, so only an identifier
# (64 lowercase hex digits) is passed on, never whatever else the file holds.
if node_id=$(timeout 60 zorf-node-id --cache-file /var/lib/zorf/node-id); then
  case $node_id in
    *[!0123456789abcdef]*) node_id= ;;
  esac
  if [ ${#node_id} -eq 64 ]; then
    echo "export ZORF_NODE_ID=$node_id"
  else
    echo "print /var/lib/zorf/node-id holds no node identifier: ZORF_NODE_ID is not set"
  fi
else
  echo "print zorf-node-id failed with status $?: ZORF_NODE_ID is not set"
fi
