#!/bin/sh
# Converts the bundled example logs with the bundled DBC files into a fresh demo-out/ folder and
# shows what came out.
set -eu
bin=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/demo-out"
rm -rf "$out"
mkdir -p "$out"
cd "$top/examples"
echo "loglathe --dbc-can1=dbc/powertrain.dbc --dbc-can1=dbc/j1939.dbc --dbc-can2=dbc/powertrain.dbc -O demo-out logs/"
"$bin" --dbc-can1=dbc/powertrain.dbc --dbc-can1=dbc/j1939.dbc --dbc-can2=dbc/powertrain.dbc -O "$out" logs/
echo
echo "Files written below demo-out/:"
(cd "$out" && find . -name '*.csv' | sed 's|^\./||' | sort)
echo
echo "demo-out/1F3E2A_out/CAN1_EngineData/2024/01/31/00000003_00000001.csv (first lines):"
head -4 "$out/1F3E2A_out/CAN1_EngineData/2024/01/31/00000003_00000001.csv"
