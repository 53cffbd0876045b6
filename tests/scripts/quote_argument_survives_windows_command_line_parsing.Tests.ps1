BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"

    # .NET on Linux splits a command line by rules of its own; only Windows can
    # say what the agent will receive. argv_echo.exe runs under Wine and reports
    # what CommandLineToArgvW makes of each line.
    $argvEcho = $env:VARDOKEEP_ARGV_ECHO_EXE
    if (-not $argvEcho -or -not (Test-Path -LiteralPath $argvEcho)) { throw "VARDOKEEP_ARGV_ECHO_EXE does not name the built argv_echo.exe: '$argvEcho'" }
    if (-not $env:VARDOKEEP_WINEPREFIX) { throw 'VARDOKEEP_WINEPREFIX is not set' }

    function Split-OnWindows([string[]]$Lines) {
        $hexLines = @(foreach ($line in $Lines) { [Convert]::ToHexString([Text.Encoding]::UTF8.GetBytes($line)).ToLowerInvariant() })
        $saved = @{ WINEPREFIX = $env:WINEPREFIX; WINEDEBUG = $env:WINEDEBUG; WINEDLLOVERRIDES = $env:WINEDLLOVERRIDES }
        $env:WINEPREFIX = $env:VARDOKEEP_WINEPREFIX
        $env:WINEDEBUG = '-all'
        $env:WINEDLLOVERRIDES = 'mscoree,mshtml='
        try {
            # A wrong split still ends with 0; a non-zero end is Wine failing to
            # run the program (seen once, beside a loaded machine's other Wine
            # tests, without a word on standard error), so it is tried once more.
            $output = @(& wine $argvEcho --lines @hexLines)
            if ($LASTEXITCODE -ne 0) {
                Write-Warning "argv_echo.exe ended with $LASTEXITCODE; trying once more"
                $output = @(& wine $argvEcho --lines @hexLines)
            }
            if ($LASTEXITCODE -ne 0) { throw "argv_echo.exe ended with $LASTEXITCODE" }
        } finally {
            foreach ($name in $saved.Keys) { [Environment]::SetEnvironmentVariable($name, $saved[$name]) }
        }
        $results = New-Object System.Collections.Generic.List[object]
        $at = 0
        foreach ($line in $Lines) {
            $count = [int]$output[$at]
            $elements = @(for ($i = 1; $i -le $count; $i++) { [Text.Encoding]::UTF8.GetString([Convert]::FromHexString($output[$at + $i])) })
            $results.Add($elements)
            $at += $count + 1
        }
        $output.Count | Should -Be $at
        return , $results.ToArray()
    }

    # The function itself, taken from the runner's text.
    $runBackup = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $VkTest.RepoScripts 'Run-Backup.ps1'), [ref]$null, [ref]$null)
    $definition = $runBackup.Find({ param($n) $n -is [System.Management.Automation.Language.FunctionDefinitionAst] -and $n.Name -eq 'Quote-Argument' }, $true)
    . ([scriptblock]::Create($definition.Extent.Text))

    # The setup program's self-test arguments, then the agent's own quoting cases.
    $vectors = @(
        'setup.exe', 'C:\pasta com espaco\', 'aspas"a\"b', '', 'C:\dados',
        'C:\cfg\ssh.conf', 'C:\dir\', 'C:\dir\\', 'say "hi"', 'a\\"b', '"', '\', '\\server\share\',
        'ends with a quote"', '"starts with a quote', "tab`there", 'a  b', 'Acao/Ubersicht ' + [char]0x00E7 + [char]0x00E3 + [char]0x00DC,
        "line`nfeed\", "dir\`n")
}

Describe 'Quote-Argument' -Tag wine {
    It 'quotes the setup self-test arguments as the setup program does' {
        ($vectors[0..4] | ForEach-Object { Quote-Argument $_ }) -join ' ' | Should -BeExactly '"setup.exe" "C:\pasta com espaco\\" "aspas\"a\\\"b" "" "C:\dados"'
    }

    It 'gives every value back through CommandLineToArgvW, alone and all on one line' {
        $lines = @($vectors | ForEach-Object { Quote-Argument $_ }) + @((($vectors | ForEach-Object { Quote-Argument $_ }) -join ' '))
        $split = Split-OnWindows $lines
        for ($i = 0; $i -lt $vectors.Count; $i++) {
            , $split[$i] | Should -Be @(, $vectors[$i]) -Because "the value was '$($vectors[$i])'"
        }
        $split[-1] | Should -Be $vectors
    }
}

Describe 'The runner''s command line' -Tag wine {
    BeforeEach {
        $tree = New-VkTree
        $machine = New-UniqueMachineName 'argv'
        $global:VkAgentArgumentLine = $null
        Mock Start-Process -ParameterFilter { $FilePath -like '*vardokeep-agent.exe' } -MockWith {
            $global:VkAgentArgumentLine = $ArgumentList
            $process = [pscustomobject]@{ Handle = [IntPtr]::Zero; HasExited = $true; ExitCode = 0 }
            # An agent that has ended: WaitForExit with a timeout answers true.
            $process | Add-Member -MemberType ScriptMethod -Name WaitForExit -Value { return $true }
            $process | Add-Member -MemberType ScriptMethod -Name Refresh -Value { }
            $process | Add-Member -MemberType ScriptMethod -Name Kill -Value { }
            return $process
        }
    }
    AfterEach { Remove-VkTree $tree }

    It 'brings a source and exclusions with trailing backslashes and double quotes to the agent unchanged' {
        $source = 'C:\Users\ana "quoted" folder\'
        $excludes = @('cache\', 'say "hi"', 'x\\"y', 'Program Files/Vardokeep')
        $machineDir = New-InstalledMachine $tree $machine @{ Source = $source; Excludes = $excludes; UseVssWriters = $true }
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 0
        $expected = @('backup', '--source', $source, '--ssh-config', (Join-Path $machineDir 'ssh.conf'), '--destination', 'vardo-backup', '--vss-writers')
        foreach ($exclude in $excludes) { $expected += @('--exclude', $exclude) }
        $split = Split-OnWindows @([string]$global:VkAgentArgumentLine)
        $split[0] | Should -Be $expected
    }
}

Describe 'The uninstall entry''s command line' -Tag wine {
    BeforeAll {
        # The setup wrapper's own functions, taken from its text.
        $setupRun = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $VkTest.RepoScripts 'Setup-Run.ps1'), [ref]$null, [ref]$null)
        foreach ($name in @('Quote-Argument', 'Get-UninstallCommandLine')) {
            $definition = $setupRun.Find({ param($n) $n -is [System.Management.Automation.Language.FunctionDefinitionAst] -and $n.Name -eq $name }, $true)
            . ([scriptblock]::Create($definition.Extent.Text))
        }
    }

    It 'reaches the elevated PowerShell as the uninstall arguments, through Windows, PowerShell and Windows again' {
        $powerShellExe = 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe'
        # A quote of each kind PowerShell reads as a single quote, and a space.
        $uninstallScript = 'C:\Program Files\Vardokeep d''Ana ' + [char]0x2019 + '\Uninstall-Vardokeep.ps1'
        $line = Get-UninstallCommandLine $powerShellExe $uninstallScript 'pc-01'
        $outer = (Split-OnWindows @($line))[0]
        $outer.Count | Should -Be 4
        $outer[0..2] | Should -Be @($powerShellExe, '-NoProfile', '-EncodedCommand')
        $command = [Text.Encoding]::Unicode.GetString([Convert]::FromBase64String($outer[3]))
        $ast = [System.Management.Automation.Language.Parser]::ParseInput($command, [ref]$null, [ref]$null)
        $elements = $ast.Find({ param($n) $n -is [System.Management.Automation.Language.CommandAst] }, $true).CommandElements
        $values = @($elements | ForEach-Object { if ($_ -is [System.Management.Automation.Language.CommandParameterAst]) { '-' + $_.ParameterName } else { $_.Value } })
        $values[0..4] | Should -Be @('Start-Process', '-FilePath', $powerShellExe, '-Verb', 'RunAs')
        $values[5] | Should -Be '-ArgumentList'
        $values.Count | Should -Be 7
        (Split-OnWindows @($values[6]))[0] | Should -Be @('-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', $uninstallScript, '-Machine', 'pc-01')
    }
}
