# Sourced by setup.sh and test-all.sh: the pinned tools that come from the npm registry, each in a
# versioned prefix outside the clone (DROVANE_TOOLS, default /opt/drovane-tools).
drovane_tools=${DROVANE_TOOLS:-/opt/drovane-tools}
redocly_version=2.77.0
redocly_prefix=$drovane_tools/redocly-cli-$redocly_version
redocly=$redocly_prefix/node_modules/.bin/redocly
