rule Kestrov_PS_Downloader
{
  strings:
    $client = "Net.WebClient" ascii wide nocase
    $download = "DownloadString" ascii wide nocase
    $run = "IEX" ascii wide nocase
  condition:
    all of them
}
