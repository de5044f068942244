# Operations: man pages, install and uninstall, the Debian package, and the
# browser check of tallywick-report's chart page.
#
#   make install [DESTDIR=/tmp/x] [PREFIX=/usr]   build, then lay the files out
#   make uninstall [DESTDIR=...] [PREFIX=...]      remove them again
#   make install-check                             install into a scratch DESTDIR and check it
#   make deb                                       dpkg-buildpackage -us -uc -b; the .deb lands in build-deb/
#   make test-browser                              render the chart page in headless Chromium
#
# Packages these targets need beyond `make deps` are installed by the targets
# themselves, through `make deps PKGS=...`.

PREFIX ?= /usr
DESTDIR ?=
SYSCONFDIR ?= /etc
UNITDIR ?= /lib/systemd/system
OPS_BUILD ?= build

OPS_BINDIR = $(PREFIX)/bin
OPS_MANDIR = $(PREFIX)/share/man
OPS_DOCDIR = $(PREFIX)/share/doc/tallywick
OPS_SYSUSERSDIR = $(PREFIX)/lib/sysusers.d
OPS_CONFDIR = $(SYSCONFDIR)/norvex/tallywick
OPS_MAN_PAGES = $(OPS_BUILD)/man/tallywick.8 $(OPS_BUILD)/man/tallywick-report.1
OPS_DEB_PKGS = debhelper dpkg-dev fakeroot scdoc

.PHONY: man install install-files uninstall install-check deb test-browser ops-browser-note

# The man pages are generated from docs/man/*.scd.
man: $(OPS_MAN_PAGES)

$(OPS_BUILD)/man/%: docs/man/%.scd
	@command -v scdoc >/dev/null 2>&1 || $(MAKE) --no-print-directory deps PKGS=scdoc
	@mkdir -p $(@D)
	scdoc < $< > $@.tmp && mv $@.tmp $@

install: build man
	@$(MAKE) --no-print-directory install-files

# install-files copies what is built; it builds nothing but the man pages.
install-files: $(OPS_MAN_PAGES)
	@for b in tallywick tallywick-report; do \
	  [ -x $(OPS_BUILD)/bin/$$b ] || { echo "$(OPS_BUILD)/bin/$$b is missing: run make build first" >&2; exit 1; }; \
	done
	install -d $(DESTDIR)$(OPS_BINDIR) $(DESTDIR)$(OPS_MANDIR)/man8 $(DESTDIR)$(OPS_MANDIR)/man1 \
	  $(DESTDIR)$(UNITDIR) $(DESTDIR)$(SYSCONFDIR)/logrotate.d $(DESTDIR)$(OPS_SYSUSERSDIR) \
	  $(DESTDIR)$(OPS_CONFDIR) $(DESTDIR)$(OPS_DOCDIR)
	install -m 0755 $(OPS_BUILD)/bin/tallywick $(OPS_BUILD)/bin/tallywick-report $(DESTDIR)$(OPS_BINDIR)/
	install -m 0644 $(OPS_BUILD)/man/tallywick.8 $(DESTDIR)$(OPS_MANDIR)/man8/tallywick.8
	install -m 0644 $(OPS_BUILD)/man/tallywick-report.1 $(DESTDIR)$(OPS_MANDIR)/man1/tallywick-report.1
	sed 's|/usr/bin/tallywick |$(OPS_BINDIR)/tallywick |' packaging/tallywick.service > $(DESTDIR)$(UNITDIR)/tallywick.service
	chmod 0644 $(DESTDIR)$(UNITDIR)/tallywick.service
	install -m 0644 packaging/tallywick.logrotate $(DESTDIR)$(SYSCONFDIR)/logrotate.d/tallywick
	install -m 0644 packaging/tallywick.sysusers $(DESTDIR)$(OPS_SYSUSERSDIR)/tallywick.conf
	install -m 0644 docs/operations.md $(DESTDIR)$(OPS_DOCDIR)/operations.md
	@# An edited configuration is never overwritten: the new one goes beside it.
	@conf=$(DESTDIR)$(OPS_CONFDIR)/tallywick.xml; \
	if [ -e $$conf ] && ! cmp -s packaging/tallywick.xml $$conf; then \
	  install -m 0644 packaging/tallywick.xml $$conf.new; \
	  echo "kept the existing $$conf; the shipped one is $$conf.new"; \
	else \
	  install -m 0644 packaging/tallywick.xml $$conf; \
	fi
	@if [ -f examples/tallywick.xml ]; then \
	  install -d $(DESTDIR)$(OPS_DOCDIR)/examples && \
	  install -m 0644 examples/tallywick.xml $(DESTDIR)$(OPS_DOCDIR)/examples/tallywick.xml; \
	fi
	@if [ -z "$(DESTDIR)" ]; then \
	  echo "installed. Next: systemd-sysusers tallywick.conf && systemctl daemon-reload && systemctl enable --now tallywick"; \
	fi

uninstall:
	rm -f $(DESTDIR)$(OPS_BINDIR)/tallywick $(DESTDIR)$(OPS_BINDIR)/tallywick-report \
	  $(DESTDIR)$(OPS_MANDIR)/man8/tallywick.8 $(DESTDIR)$(OPS_MANDIR)/man1/tallywick-report.1 \
	  $(DESTDIR)$(UNITDIR)/tallywick.service $(DESTDIR)$(SYSCONFDIR)/logrotate.d/tallywick \
	  $(DESTDIR)$(OPS_SYSUSERSDIR)/tallywick.conf $(DESTDIR)$(OPS_DOCDIR)/operations.md \
	  $(DESTDIR)$(OPS_DOCDIR)/examples/tallywick.xml $(DESTDIR)$(OPS_CONFDIR)/tallywick.xml.new
	@conf=$(DESTDIR)$(OPS_CONFDIR)/tallywick.xml; \
	if [ -e $$conf ]; then \
	  if cmp -s packaging/tallywick.xml $$conf; then rm -f $$conf; \
	  else echo "kept $$conf: it was edited"; fi; \
	fi
	@for d in $(DESTDIR)$(OPS_DOCDIR)/examples $(DESTDIR)$(OPS_DOCDIR) $(DESTDIR)$(OPS_CONFDIR) \
	          $(DESTDIR)$(SYSCONFDIR)/norvex; do rmdir $$d 2>/dev/null || true; done
	@echo "the database, log and health directories (/var/lib/norvex/tallywick, /var/log/norvex/fenmark, /run/norvex/tallywick) are left in place"

install-check: build man
	bash packaging/install-check.sh $(OPS_BUILD)

deb:
	@$(MAKE) --no-print-directory deps PKGS="$(PKGS) $(OPS_DEB_PKGS)"
	dpkg-buildpackage -us -uc -b
	@v=$$(dpkg-parsechangelog -S Version); a=$$(dpkg-architecture -qDEB_HOST_ARCH); \
	mkdir -p build-deb && \
	for f in ../tallywick_$${v}_$${a}.deb ../tallywick-dbgsym_$${v}_$${a}.deb \
	         ../tallywick_$${v}_$${a}.buildinfo ../tallywick_$${v}_$${a}.changes; do \
	  [ -e $$f ] && mv -f $$f build-deb/; \
	done; \
	echo "built build-deb/tallywick_$${v}_$${a}.deb"

test-browser: build
	@$(MAKE) --no-print-directory deps PKGS=chromium
	TW_SOURCE_DIR=$(CURDIR) TALLYWICK_REPORT_BIN=$(CURDIR)/build/bin/tallywick-report \
	  TW_OUT_DIR=$(CURDIR)/build/report-browser TW_DOCS_PNG=$(CURDIR)/docs/report-chart.png \
	  python3 tests/e2e/report_browser_check.py

# `make test` runs the browser check too; say why when ctest will skip it.
test: ops-browser-note
ops-browser-note:
	@command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || \
	  echo "note: chromium is not installed, so ctest skips e2e_report_browser (make test-browser installs it and runs it)"
