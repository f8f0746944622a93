#!/bin/sh
echo "bench: not available yet"
