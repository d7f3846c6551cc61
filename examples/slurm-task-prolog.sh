#!/bin/sh
# Slurm TaskProlog= (slurm.conf): every task of a job gets ZORF_NODE_ID in its
# environment. It runs as the job's user, so it reads the cache that the boot
# unit wrote (a hit: NVML is not touched, whatever the job does to the GPUs).
if node_id=$(timeout 60 zorf-node-id --cache-file /var/lib/zorf/node-id); then
  echo "export ZORF_NODE_ID=$node_id"
else
  echo "print zorf-node-id failed with status $?: ZORF_NODE_ID is not set"
fi
