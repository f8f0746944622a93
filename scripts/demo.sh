#!/bin/sh
echo "demo: not available yet"
