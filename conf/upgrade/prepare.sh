#!/bin/sh
# Local-run stand-in for the prepare command: it only logs how it was called (never flashes anything).
echo "$(date '+%F %T') prepare.sh $*" >>/tmp/brixmoor-local/upgrade.log
