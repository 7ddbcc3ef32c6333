#!/bin/sh
# Registered as Wine's browser: records each URL the Windows shell opens, one
# a line, in the file named by KV_BROWSER_LOG.
printf '%s\n' "$1" >> "${KV_BROWSER_LOG:?KV_BROWSER_LOG is not set}"
