"""Everything that writes outcomes: the terminal table (table), JSON
(json_report), JUnit XML (junit), Markdown (markdown), the HTML report
(html_report) and funnel plots (plot), with the cells they share (cells) and
the escaping of names from files (text). This layer builds on run, io and
comparison; it imports nothing here so that a worker that only draws loads
only the plots.
"""
