# SPDX-License-Identifier: MIT
"""What the programs write to standard error, byte for byte."""
NO_NODE = b"open device failed\n: No such file or directory\n"
NO_PERMISSION = b"open device failed\n: Permission denied\n"
EIO = b"read device failed: Input/output error\n"
SHORT = b"read device failed: short read\n"
FULL = b"write standard output failed: No space left on device\n"
CLOSED = b"write standard output failed: Bad file descriptor\n"
