# The warnings every target of ours is built with; the Windows tools' project (tools/windows/)
# includes this too.
set(KELVARO_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
