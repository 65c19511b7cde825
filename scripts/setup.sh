#!/usr/bin/env bash
# Installs the Debian packages Veltrow needs to build, test and run.
# Safe to run again: only missing packages are installed. With --tests, also
# what only the tests need.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config dpkg-dev
  qt6-base-dev libgl-dev
  libssl-dev openssl ca-certificates
  qtkeychain-qt6-dev libsecret-1-0
  libzip-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-dev
  python3 python3-aiosmtpd
  dbus-bin dbus-daemon gnome-keyring libsecret-tools
  fonts-ipafont-gothic fontconfig
  qt6-translations-l10n locales
  xvfb xauth
)
# Postfix is for the tests' own servers only; the program never needs a mail
# system on the machine it runs on.
# openpyxl writes the Excel workbooks the list tests and the benchmark read;
# dnslib answers the domain check's tests as their own DNS server; the
# package test validates the menu entry and renders the man pages.
if [ "${1:-}" = "--tests" ]; then
  packages+=(postfix python3-openpyxl python3-dnslib desktop-file-utils man-db)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages; run this as root (or install them): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Postfix is for the tests' own servers: "No configuration" installs its
  # programs and starts no mail system.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Japanese locale, so that LANG=ja_JP.UTF-8 starts Veltrow with Qt's own
# dialogs in Japanese.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "The locale ja_JP.UTF-8 is missing; run this as root to generate it." >&2
  else
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  fi
fi
