"""What every part of the launcher shares: the exit statuses, the launcher's records,
the job's texts it matches, each meter's outcome learnt from the job's records, stop
signals, and the shards a name list is cut into.

May import: nothing else of the launcher.
"""
