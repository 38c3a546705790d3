#!/usr/bin/env bash
# Runs one Windows program under Wine with a wine server of its own, so that nothing of an earlier
# program (its locale and code page, a window or process left behind) reaches this one. The Windows
# build's test programs run through it one at a time; a wine server of the same prefix that other
# programs share must not be running at the same time.
wineserver -k >/dev/null 2>&1
wine "$@"
status=$?
wineserver -k >/dev/null 2>&1
exit $status
