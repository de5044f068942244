# Fault runs of the built service (tests/faults/faults.py): 20 kills with
# restarts, SIGTERMs during passes, a deleted database, an unwritable database
# directory, a removed health directory, a write lock held for 10 s and a full
# file system (a tmpfs in a mount namespace of its own; root only).
.PHONY: faults
faults: build
	TALLYWICK_BIN=$(CURDIR)/build/bin/tallywick python3 tests/faults/faults.py
