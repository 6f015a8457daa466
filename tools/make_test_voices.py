#!/usr/bin/python3
"""Placeholder: the test-voice generator arrives with the voice slots."""
import argparse, os
ap = argparse.ArgumentParser()
ap.add_argument("--out", required=True)
os.makedirs(ap.parse_args().out, exist_ok=True)
