"""fbbench-compare: fbbench results files compared in tables, a chart and a
self-contained web page.

load      reading and checking the files
columns   one column per file and device, rows, workloads and labels
tables    the cells of the comparison, its notes and the systems table
export    the comparison as Markdown, CSV or JSON, and the summary
chart     the chart (matplotlib)
page      the web page
ranking   many columns: a line per session and device, a column per main figure
strip     the chart of many columns, of bounded size
farm_page the web page of many columns, sortable and filterable
store     the SQLite results store: its schema, adding a session, choosing sessions
stored    what the command does with a store
regress   changes since a board's previous session, flagged against the runs' noise
files     writing an output in place of a file
command   the command line
"""
