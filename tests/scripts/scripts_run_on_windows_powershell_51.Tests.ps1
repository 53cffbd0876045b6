BeforeDiscovery {
    $scriptNames = @('Setup-Run.ps1', 'Install-Vardokeep.ps1', 'Run-Backup.ps1', 'Uninstall-Vardokeep.ps1',
        '../tools/windows/acceptance.ps1') | ForEach-Object { @{ Name = $_ } }
}

BeforeAll {
    $scriptsDir = [IO.Path]::GetFullPath((Join-Path $PSScriptRoot '../../scripts'))

    # What PowerShell 7 accepts and Windows PowerShell 5.1 cannot run. The parser
    # of 7 reads the text; every finding names the construct and its line.
    $commandsOf7 = @('Join-String', 'Test-Json', 'Get-Error', 'ConvertFrom-Markdown', 'Show-Markdown', 'Get-Uptime',
        'Remove-Alias', 'Remove-Service', 'Get-MarkdownOption', 'Set-MarkdownOption')
    $parametersOf7 = @('Parallel', 'AsHashtable', 'AsByteStream', 'AsArray', 'EnumsAsStrings',
        'SkipCertificateCheck', 'SkipHeaderValidation', 'MaximumRetryCount', 'Environment')
    $variablesOf7 = @('IsWindows', 'IsLinux', 'IsMacOS', 'IsCoreCLR', 'PSStyle', 'PSNativeCommandArgumentPassing',
        'PSNativeCommandUseErrorActionPreference')
    $encodingsOf7 = @('utf8NoBOM', 'utf8BOM')
    # Members and types that exist only on .NET (Core), not on .NET Framework.
    $membersOfCore = @('ToHexString', 'FromHexString', 'GetRelativePath', 'TrimEndingDirectorySeparator',
        'EndsInDirectorySeparator', 'ProcessPath', 'ProcessId', 'ReadAllTextAsync', 'WriteAllTextAsync',
        'ReadAllLinesAsync', 'ReplaceLineEndings', 'IsPathFullyQualified', 'GetValueOrDefault', 'TryAdd', 'AppendJoin')
    $typesOfCore = @('System.Text.Json', 'System.Range', 'System.Index', 'System.Half', 'System.Buffers',
        'System.Net.Http.Json', 'System.Formats')

    function Get-Pwsh7OnlyFinding([string]$Text) {
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseInput($Text, [ref]$tokens, [ref]$errors)
        $findings = New-Object System.Collections.Generic.List[string]
        foreach ($parseError in $errors) { $findings.Add("parse error: $($parseError.Message)") }
        foreach ($token in $tokens) {
            if ($token.Kind -eq 'Number' -and $token.Text -match '^[0-9a-fx.]+(u|ul|y|uy|s|us|n)$') {
                $findings.Add("numeric suffix of 7 at line $($token.Extent.StartLineNumber)")
            }
        }
        $nodes = $ast.FindAll({ $true }, $true)
        foreach ($node in $nodes) {
            $line = $node.Extent.StartLineNumber
            $kind = $node.GetType().Name
            switch ($kind) {
                'TernaryExpressionAst' { $findings.Add("ternary operator at line $line") }
                'PipelineChainAst' { $findings.Add("pipeline chain && or || at line $line") }
                'BinaryExpressionAst' {
                    if ($node.Operator -eq 'QuestionQuestion') { $findings.Add("?? at line $line") }
                }
                'AssignmentStatementAst' {
                    if ($node.Operator -eq 'QuestionQuestionEquals') { $findings.Add("??= at line $line") }
                }
                'ScriptBlockAst' {
                    if ($null -ne $node.CleanBlock) { $findings.Add("clean block at line $line") }
                }
                'PipelineAst' {
                    if ($node.Background) { $findings.Add("background operator & at line $line") }
                }
                'CommandAst' {
                    $name = $node.GetCommandName()
                    if ($name -and $commandsOf7 -contains $name) { $findings.Add("command $name at line $line") }
                }
                'CommandParameterAst' {
                    if ($parametersOf7 -contains $node.ParameterName) { $findings.Add("parameter -$($node.ParameterName) at line $line") }
                }
                'VariableExpressionAst' {
                    if ($variablesOf7 -contains $node.VariablePath.UserPath) { $findings.Add("variable `$$($node.VariablePath.UserPath) at line $line") }
                }
                'StringConstantExpressionAst' {
                    foreach ($encoding in $encodingsOf7) {
                        if ($node.Value -match "\b$encoding\b") { $findings.Add("encoding $encoding at line $line") }
                    }
                }
                'TypeExpressionAst' {
                    foreach ($prefix in $typesOfCore) {
                        if ($node.TypeName.FullName -like "$prefix*") { $findings.Add("type $($node.TypeName.FullName) at line $line") }
                    }
                }
                'TypeConstraintAst' {
                    foreach ($prefix in $typesOfCore) {
                        if ($node.TypeName.FullName -like "$prefix*") { $findings.Add("type $($node.TypeName.FullName) at line $line") }
                    }
                }
            }
            if ($node -is [System.Management.Automation.Language.MemberExpressionAst]) {
                if ($node.NullConditional) { $findings.Add("?. at line $line") }
                if ($node.Member -is [System.Management.Automation.Language.StringConstantExpressionAst] -and $membersOfCore -contains $node.Member.Value) {
                    $findings.Add("member $($node.Member.Value) at line $line")
                }
            }
            if ($node -is [System.Management.Automation.Language.IndexExpressionAst] -and $node.NullConditional) {
                $findings.Add("?[] at line $line")
            }
        }
        return $findings.ToArray()
    }
}

Describe 'The checker for Windows PowerShell 5.1' {
    It 'refuses <Construct>' -TestCases @(
        @{ Construct = 'the ternary operator'; Text = '$a = $b ? 1 : 2'; Finding = 'ternary operator at line 1' }
        @{ Construct = 'null coalescing'; Text = '$a = $b ?? 1'; Finding = '?? at line 1' }
        @{ Construct = 'null-coalescing assignment'; Text = '$a ??= 1'; Finding = '??= at line 1' }
        @{ Construct = 'null-conditional member access'; Text = '${a}?.Length'; Finding = '?. at line 1' }
        @{ Construct = 'null-conditional indexing'; Text = '${a}?[0]'; Finding = '?[] at line 1' }
        @{ Construct = 'a pipeline chain with &&'; Text = 'Get-Item x && Get-Item y'; Finding = 'pipeline chain && or || at line 1' }
        @{ Construct = 'a pipeline chain with ||'; Text = 'Get-Item x || exit 1'; Finding = 'pipeline chain && or || at line 1' }
        @{ Construct = 'a clean block'; Text = 'function f { process { 1 } clean { 2 } }'; Finding = 'clean block at line 1' }
        @{ Construct = 'the background operator'; Text = 'Get-Item x &'; Finding = 'background operator & at line 1' }
        @{ Construct = 'ForEach-Object -Parallel'; Text = '1..3 | ForEach-Object -Parallel { $_ }'; Finding = 'parameter -Parallel at line 1' }
        @{ Construct = 'ConvertFrom-Json -AsHashtable'; Text = '$j = $t | ConvertFrom-Json -AsHashtable'; Finding = 'parameter -AsHashtable at line 1' }
        @{ Construct = 'Get-Content -AsByteStream'; Text = 'Get-Content x -AsByteStream'; Finding = 'parameter -AsByteStream at line 1' }
        @{ Construct = 'the encoding utf8NoBOM'; Text = 'Set-Content x -Encoding utf8NoBOM -Value 1'; Finding = 'encoding utf8NoBOM at line 1' }
        @{ Construct = 'Join-String'; Text = '1, 2 | Join-String -Separator ","'; Finding = 'command Join-String at line 1' }
        @{ Construct = 'Test-Json'; Text = 'Test-Json -Json $t'; Finding = 'command Test-Json at line 1' }
        @{ Construct = '$IsWindows'; Text = 'if ($IsWindows) { 1 }'; Finding = 'variable $IsWindows at line 1' }
        @{ Construct = 'a .NET Core-only method'; Text = '[IO.Path]::GetRelativePath($a, $b)'; Finding = 'member GetRelativePath at line 1' }
        @{ Construct = 'a .NET Core-only type'; Text = '[System.Text.Json.JsonSerializer]::Serialize($a)'; Finding = 'type System.Text.Json.JsonSerializer at line 1' }
        @{ Construct = 'a numeric suffix of 7'; Text = '$a = 5u'; Finding = 'numeric suffix of 7 at line 1' }
        @{ Construct = 'text that does not parse'; Text = 'if ($a { }'; Finding = 'parse error: ' }
    ) {
        @(Get-Pwsh7OnlyFinding $Text | Where-Object { $_.StartsWith($Finding) }).Count | Should -BeGreaterThan 0
    }

    It 'accepts what 5.1 runs' {
        Get-Pwsh7OnlyFinding ('$a = if ($b) { 1 } else { 2 }; [IO.File]::WriteAllText($p, $t, (New-Object System.Text.UTF8Encoding($false)))' +
            "`n" + 'try { & icacls.exe $p /grant:r "*S-1-5-18:F" 2>&1 } catch { $_.Exception.Message }') | Should -BeNullOrEmpty
    }
}

Describe '<Name>' -ForEach $scriptNames {
    BeforeAll {
        $path = Join-Path $scriptsDir $Name
        $bytes = [IO.File]::ReadAllBytes($path)
    }

    It 'is plain ASCII with line feeds and no byte-order mark' {
        @($bytes | Where-Object { $_ -gt 0x7E -or ($_ -lt 0x20 -and $_ -ne 0x0A) }).Count | Should -Be 0
        $bytes[-1] | Should -Be 0x0A
    }

    It 'uses nothing that Windows PowerShell 5.1 cannot run' {
        Get-Pwsh7OnlyFinding ([Text.Encoding]::ASCII.GetString($bytes)) | Should -BeNullOrEmpty
    }

    It 'writes files through explicit .NET encodings, not the cmdlets'' defaults' {
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($path, [ref]$null, [ref]$null)
        $writers = $ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.CommandAst] -and
                @('Set-Content', 'Add-Content', 'Out-File', 'Export-Csv', 'Tee-Object') -contains $n.GetCommandName() }, $true)
        @($writers).Count | Should -Be 0
        $redirections = $ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.FileRedirectionAst] }, $true)
        @($redirections).Count | Should -Be 0
    }
}

# An elevated script's environment is the installing user's to set: no script
# reads it, and the scripts that share a helper carry the same text of it.
Describe 'What the scripts share' {
    BeforeAll {
        function Get-FunctionText([string]$Name, [string]$Function) {
            $ast = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $scriptsDir $Name), [ref]$null, [ref]$null)
            $found = $ast.Find({ param($n) $n -is [System.Management.Automation.Language.FunctionDefinitionAst] -and $n.Name -eq $Function }, $true)
            if ($null -eq $found) { return $null }
            return $found.Extent.Text
        }
    }

    It 'no script reads an environment variable' {
        foreach ($name in @('Setup-Run.ps1', 'Install-Vardokeep.ps1', 'Run-Backup.ps1', 'Uninstall-Vardokeep.ps1')) {
            $ast = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $scriptsDir $name), [ref]$null, [ref]$null)
            $reads = $ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.VariableExpressionAst] -and $n.VariablePath.DriveName -eq 'env' }, $true)
            @($reads | ForEach-Object { "$name line $($_.Extent.StartLineNumber)" }) | Should -BeNullOrEmpty
        }
    }

    It 'Get-SystemFolders is the same in every script that takes system folders' {
        $reference = Get-FunctionText 'Install-Vardokeep.ps1' 'Get-SystemFolders'
        $reference | Should -Not -BeNullOrEmpty
        Get-FunctionText 'Setup-Run.ps1' 'Get-SystemFolders' | Should -BeExactly $reference
        Get-FunctionText 'Run-Backup.ps1' 'Get-SystemFolders' | Should -BeExactly $reference
    }

    It 'Quote-Argument is the same in the runner and the setup wrapper' {
        $reference = Get-FunctionText 'Run-Backup.ps1' 'Quote-Argument'
        $reference | Should -Not -BeNullOrEmpty
        Get-FunctionText 'Setup-Run.ps1' 'Quote-Argument' | Should -BeExactly $reference
    }
}
