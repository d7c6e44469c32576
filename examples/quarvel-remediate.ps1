# Intune remediation, remediation script: starts Quarvel's activity. Exit
# status 0 when quarctl reached the application, 1 when it did not, 2 when
# quarctl-session could not run.
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
$out = (& $bridge START) -join ' '
if ($null -eq $LASTEXITCODE) { Write-Output "quarctl-session could not be run: $bridge"; exit 2 }
Write-Output $out
exit $LASTEXITCODE
