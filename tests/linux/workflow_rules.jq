# What the Windows workflow must mean, beyond its schema: one line for each rule a
# workflow (read as JSON, by yq) breaks, nothing when it keeps them all.
#   - every job that runs a test kit checks the kit against SHA256SUMS before it runs it,
#     and keeps the report when the kit fails;
#   - the ARM64 kit has a job;
#   - the job that publishes the release waits for every job that runs a kit, and may write
#     the release and its attestations and nothing else.
def steps_text: [.steps[]? | (.run // "") + " " + (.uses // "")];
def runs_kit: steps_text | map(test("run-tests\\.cmd")) | any;
def list: if type == "array" then . elif . == null then [] else [.] end;

.jobs as $jobs
| ($jobs | to_entries | map(select(.value | runs_kit) | .key)) as $kits
| (if ($kits | length) == 0 then "no job runs a test kit" else empty end),
  ($kits[] as $name | $jobs[$name] | (steps_text | map(test("run-tests\\.cmd")) | index(true)) as $run
   | (if [.steps[:$run][] | (.run // "") | test("Get-FileHash") and test("SHA256SUMS")] | any then empty
      else "\($name): the kit is not checked against SHA256SUMS before it runs" end),
     (if [.steps[$run + 1:][] | select((.uses // "") | startswith("actions/upload-artifact"))
          | select((.if // "" | tostring) | test("always\\(\\)|failure\\(\\)"))] | any then empty
      else "\($name): the report is not kept when the kit fails" end)),
  (if [$kits[] as $name | $jobs[$name].strategy.matrix.include[]?.kit] | index("arm64") then empty
   else "no job runs the ARM64 kit" end),
  ([$jobs | to_entries[] | select(.value | steps_text | map(test("gh release create")) | any)] as $publishers
   | if ($publishers | length) == 0 then "no job publishes the release"
     else $publishers[] | .key as $publisher | (.value.needs | list) as $needs
          | ($kits[] | select(. as $kit | $needs | index($kit) | not)
             | "\($publisher) publishes without waiting for the kit job \(.)"),
            (.value.permissions | select(. != {contents: "write", "id-token": "write", attestations: "write"})
             | "\($publisher): permissions \(tojson), where it needs contents, id-token and attestations to write")
     end)
