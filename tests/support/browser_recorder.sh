#!/bin/sh
# Registered as Wine's browser: records each URL the Windows shell opens, one
# a line, in browser_urls.txt of its working directory, which is the current
# directory of the program that opened the URL (the tray's: its own folder).
printf '%s\n' "$1" >> browser_urls.txt
