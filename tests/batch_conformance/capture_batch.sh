#!/bin/sh
# Stands for the batch interpreter while update_batch_capture runs update.exe:
# notes the folder it was started in and its arguments, one a line, in
# $KORVA_BATCH_CAPTURE, keeps a copy of the batch file beside that, and leaves
# the batch file unrun.
{ pwd; for arg in "$@"; do printf '%s\n' "$arg"; done; } >"$KORVA_BATCH_CAPTURE"
cp "$1" "$KORVA_BATCH_CAPTURE.bat"
exit 0
