#!/bin/sh
# Stands for the batch interpreter while update_batch_capture runs update.exe:
# notes the folder it was started in and its arguments, one a line, in
# $KORVA_BATCH_CAPTURE, keeps a copy of the batch file beside that, and leaves
# the batch file unrun. update.exe does not wait for its interpreter, so the
# record is written aside and renamed into place last: once it is there, it
# and the copy are whole.
{ pwd; for arg in "$@"; do printf '%s\n' "$arg"; done; } >"$KORVA_BATCH_CAPTURE.part"
cp "$1" "$KORVA_BATCH_CAPTURE.bat"
mv "$KORVA_BATCH_CAPTURE.part" "$KORVA_BATCH_CAPTURE"
exit 0
