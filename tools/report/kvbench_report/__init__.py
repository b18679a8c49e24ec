"""Plots, summaries and comparisons of kvbench's JSON reports."""
