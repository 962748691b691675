#!/bin/sh
# Local-run stand-in for the upgrade command: it only logs how it was called (never flashes anything).
echo "$(date '+%F %T') upgrade.sh $*" >>/tmp/brixmoor-local/upgrade.log
