# awk -v maintainer="NAME <ADDRESS>" -f debian-changelog.awk CHANGELOG.md
# Writes the changes in the form Debian reads from a native package's
# changelog.gz: each "## VERSION (YYYY-MM-DD)" heading starts an entry, and
# each paragraph or "- " item under it becomes one starred item.
function close_entry() {
    if (stamp != "")
        printf "\n -- %s  %s\n", maintainer, stamp
    stamp = ""
}
/^# / { next }
/^## / {
    close_entry()
    if (entries++)
        print ""
    day = $3
    gsub(/[()]/, "", day)
    command = "LC_ALL=C date -u -R -d " day
    command | getline stamp
    close(command)
    printf "brantolex-fixer (%s) unstable; urgency=medium\n\n", $2
    starred = 0
    next
}
/^$/ { starred = 0; next }
stamp == "" { next }
/^- / { print "  * " substr($0, 3); starred = 1; next }
{
    sub(/^ +/, "")
    print (starred ? "    " : "  * ") $0
    starred = 1
}
END { close_entry() }
