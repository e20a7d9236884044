#!/usr/bin/env bash
# Checks the shipped alerting rules with promtool and runs their unit tests
# (vellort-alerts-test.yml). Exit status 77, which CTest counts as skipped,
# when promtool is not installed: scripts/setup.sh installs it.
set -euo pipefail
cd "$(dirname "$0")"

if ! command -v promtool >/dev/null; then
    echo "skipped: promtool is not installed (the prometheus package; scripts/setup.sh installs it)"
    exit 77
fi
promtool check rules ../../packaging/vellort-alerts.yml
promtool test rules vellort-alerts-test.yml
