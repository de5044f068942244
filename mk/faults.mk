# Fault runs of the built service (tests/faults/faults.py): 20 kills with
# restarts, SIGTERMs during passes, a deleted database, an unwritable database
# directory, a removed health directory and a write lock held for 10 s.
.PHONY: faults
faults: build
	TALLYWICK_BIN=$(CURDIR)/build/bin/tallywick python3 tests/faults/faults.py
