# Fault scenarios end to end in the virtual lab: brokers killed mid-run, broken streams,
# hostile reports and discovery bursts (talix_add_lab_test comes from tests/lab.cmake).

# Box 1 serves a system update, box 2 a recovery; each loses its broker half way.
talix_add_lab_test(lab_faults_broker 2 LIBS talix_app TIMEOUT 240)

# One box that cuts the image stream half way, then sends garbage back on it.
talix_add_lab_test(lab_faults_stream 1 LIBS talix_app TIMEOUT 240)

# One box that floods an update window with reports, sends a 10 MiB report and reports with
# 100,000-character messages.
talix_add_lab_test(lab_faults_reports 1 LIBS talix_app TIMEOUT 300)

# Box 1 answers a search with 5000 replies at once, box 2 with its own.
talix_add_lab_test(lab_faults_search 2 LIBS talix_app TIMEOUT 180)
